/* A C host of the in-process engine: opens it, listens for its lines,
 * greets it, probes a clip, draws one frame of it and closes it. The clip
 * is 320x240 at 30 fps and at least a second long.
 *
 *   cc host.c $(pkg-config --cflags --libs korvel-engine) -o host-c
 *   ./host-c clip.mp4 work-folder
 *
 * Paths go into JSON as they are: keep quotes and backslashes out of them. */
#include <korvel-engine/EngineABI.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The listener runs on the engine's threads: it keeps the answer the main
 * thread waits for and wakes it; progress and other lines pass by. */
struct answers {
    pthread_mutex_t lock;
    pthread_cond_t arrived;
    char awaited[48]; /* how the answer's id reads: "id":N,"jsonrpc" */
    char* answer;
};

static void on_line(void* context, const char* line, size_t length) {
    struct answers* a = context;
    pthread_mutex_lock(&a->lock);
    /* Lines are not NUL-terminated: compare within the length. */
    size_t n = strlen(a->awaited);
    for (size_t i = 0; n && i + n <= length && !a->answer; ++i)
        if (memcmp(line + i, a->awaited, n) == 0) {
            a->answer = malloc(length + 1);
            memcpy(a->answer, line, length);
            a->answer[length] = '\0';
            pthread_cond_signal(&a->arrived);
        }
    pthread_mutex_unlock(&a->lock);
}

/* Sends the request with that id and returns its answer (to be freed). */
static char* ask(korvel_engine* engine, struct answers* a, int id, const char* line) {
    pthread_mutex_lock(&a->lock);
    snprintf(a->awaited, sizeof a->awaited, "\"id\":%d,\"jsonrpc\"", id);
    a->answer = NULL;
    pthread_mutex_unlock(&a->lock);
    if (korvel_engine_send(engine, line, strlen(line)) != 0) return NULL;
    pthread_mutex_lock(&a->lock);
    while (!a->answer) pthread_cond_wait(&a->arrived, &a->lock);
    char* answer = a->answer;
    a->answer = NULL;
    a->awaited[0] = '\0';
    pthread_mutex_unlock(&a->lock);
    return answer;
}

static int failures = 0;

static void expect(const char* what, const char* answer, const char* part) {
    int ok = answer && strstr(answer, part) != NULL;
    printf("%s %s: %s\n", ok ? "ok  " : "FAIL", what, part);
    if (!ok) {
        printf("     answer: %s\n", answer ? answer : "(none)");
        ++failures;
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s CLIP WORK-FOLDER\n", argv[0]);
        return 2;
    }
    const char* clip = argv[1];
    const char* work = argv[2];
    char cache[4096], models[4096], frame[4096], line[16384];
    snprintf(cache, sizeof cache, "%s/cache", work);
    snprintf(models, sizeof models, "%s/models", work);
    snprintf(frame, sizeof frame, "%s/frame-c.png", work);

    struct answers a = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, "", NULL};
    korvel_engine* engine = korvel_engine_open(cache, models);
    korvel_engine_on_line(engine, on_line, &a);

    char* hello = ask(engine, &a, 1, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"engine.hello\","
                                     "\"params\":{\"contractVersion\":9}}");
    expect("engine.hello", hello, "\"engineVersion\":\"0.1.0\"");
    expect("engine.hello", hello, "\"render.live\"");

    snprintf(line, sizeof line,
             "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"asset.probe\",\"params\":{\"path\":\"%s\"}}", clip);
    char* probe = ask(engine, &a, 2, line);
    expect("asset.probe", probe, "\"width\":320");
    expect("asset.probe", probe, "\"height\":240");
    /* The content hash names the clip in every render's sources. */
    char hash[65] = "";
    const char* at = probe ? strstr(probe, "\"contentHash\":\"") : NULL;
    if (at) snprintf(hash, sizeof hash, "%.64s", at + strlen("\"contentHash\":\""));

    snprintf(line, sizeof line,
             "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"render.frame\",\"params\":{"
             "\"plan\":{\"version\":1,\"canvas\":{\"format\":\"horizontal\",\"width\":320,\"height\":240,"
             "\"fps\":{\"num\":30,\"den\":1}},\"segments\":[{\"assetId\":\"a\",\"srcStartUs\":0,\"srcEndUs\":1000000,"
             "\"outStartUs\":0,\"outEndUs\":1000000,\"speed\":1.0,\"transform\":{\"keyframes\":[{\"outUs\":0,"
             "\"center\":{\"x\":0.5,\"y\":0.5},\"scale\":1.0}]},\"transitionIn\":null}],\"videoOverlays\":[],"
             "\"textItems\":[],\"colorStack\":[],\"background\":null,\"audioMix\":{\"tracks\":[],\"targetLufs\":null,"
             "\"truePeakDb\":-1},\"timeMap\":{\"entries\":[]},\"durationUs\":1000000},"
             "\"sources\":{\"a\":{\"path\":\"%s\",\"contentHash\":\"%s\"}},"
             "\"variant\":\"after\",\"atUs\":500000,\"maxLongEdge\":160,\"outPath\":\"%s\"}}",
             clip, hash, frame);
    char* drawn = ask(engine, &a, 3, line);
    expect("render.frame", drawn, "\"width\":160");
    expect("render.frame", drawn, "\"height\":120");
    expect("render.frame", drawn, "\"ptsUs\":500000");
    FILE* png = fopen(frame, "rb");
    unsigned char signature[8] = {0};
    int read = png ? (int)fread(signature, 1, sizeof signature, png) : 0;
    if (png) fclose(png);
    expect("render.frame", read == 8 && memcmp(signature, "\x89PNG\r\n\x1a\n", 8) == 0 ? "a PNG file" : NULL,
           "a PNG file");

    korvel_engine_close(engine);
    free(hello);
    free(probe);
    free(drawn);
    printf("%s\n", failures ? "host-c: FAILED" : "host-c: every answer as expected");
    return failures ? 1 : 0;
}
