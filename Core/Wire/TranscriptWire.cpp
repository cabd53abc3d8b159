#include "Core/Wire/TranscriptWire.hpp"

namespace korvel {

TranscriptWordModel TranscriptWordModel::decode(const JSONReader& in) {
    TranscriptWordModel w;
    in.read("text", w.text);
    in.read("startUs", w.startUs);
    in.read("endUs", w.endUs);
    in.read("confidence", w.confidence);
    in.read("filler", w.filler);
    return w;
}

void TranscriptWordModel::encode(JSONWriter& out) const {
    out.write("text", text);
    out.write("startUs", startUs);
    out.write("endUs", endUs);
    out.write("confidence", confidence);
    out.write("filler", filler);
}

SentenceModel SentenceModel::decode(const JSONReader& in) {
    SentenceModel s;
    in.read("firstWord", s.firstWord);
    in.read("lastWord", s.lastWord);
    return s;
}

void SentenceModel::encode(JSONWriter& out) const {
    out.write("firstWord", firstWord);
    out.write("lastWord", lastWord);
}

FillerCandidateModel::FillerCandidateModel(const FillerFinding& f)
    : kind(FillerFinding::rawValue(f.kind)), startUs(f.startUs), endUs(f.endUs), cutStartUs(f.cutStartUs),
      cutEndUs(f.cutEndUs), wordIndex(f.wordIndex), auditionOnly(f.auditionOnly) {}

FillerCandidateModel FillerCandidateModel::decode(const JSONReader& in) {
    FillerCandidateModel f;
    in.read("kind", f.kind);
    in.read("startUs", f.startUs);
    in.read("endUs", f.endUs);
    in.read("cutStartUs", f.cutStartUs);
    in.read("cutEndUs", f.cutEndUs);
    in.read("wordIndex", f.wordIndex);
    in.read("auditionOnly", f.auditionOnly);
    return f;
}

void FillerCandidateModel::encode(JSONWriter& out) const {
    out.write("kind", kind);
    out.write("startUs", startUs);
    out.write("endUs", endUs);
    out.write("cutStartUs", cutStartUs);
    out.write("cutEndUs", cutEndUs);
    out.write("wordIndex", wordIndex);
    out.write("auditionOnly", auditionOnly);
}

TranscriptAnalysisModel::TranscriptAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                                 std::string language, std::string transcriber, bool provisional,
                                                 std::vector<TranscriptWordModel> words,
                                                 std::vector<SentenceModel> sentences,
                                                 std::optional<std::vector<FillerCandidateModel>> fillerCandidates,
                                                 bool roughTimes)
    : header(analysisHeader(AnalysisKind::transcript, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      language(std::move(language)), transcriber(std::move(transcriber)), provisional(provisional),
      words(std::move(words)), sentences(std::move(sentences)), fillerCandidates(std::move(fillerCandidates)) {
    if (roughTimes) this->roughTimes = true;
}

TranscriptAnalysisModel TranscriptAnalysisModel::decode(const JSONReader& in) {
    TranscriptAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("language", m.language);
    in.read("transcriber", m.transcriber);
    in.read("provisional", m.provisional);
    in.read("words", m.words);
    in.read("sentences", m.sentences);
    in.read("fillerCandidates", m.fillerCandidates);
    in.read("roughTimes", m.roughTimes);
    return m;
}

void TranscriptAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("language", language);
    out.write("transcriber", transcriber);
    out.write("provisional", provisional);
    out.write("words", words);
    out.write("sentences", sentences);
    out.write("fillerCandidates", fillerCandidates);
    out.write("roughTimes", roughTimes);
}

} // namespace korvel
