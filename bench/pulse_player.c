/* A playing application for the PulseAudio capture benchmark: a libpulse
 * playback stream (48 kHz stereo float, asking for 10 ms of latency) that
 * plays either clicks or a steady tone.
 *
 *   pulse_player clicks INTERVAL_MS SECONDS
 *       A 1 ms click (0.4 full scale) every interval, silence between. For
 *       each click, one line on standard output: the CLOCK_MONOTONIC time in
 *       ns at which the block holding it was handed to the server, plus how
 *       far into the block the click starts, which is when it would play
 *       were the server's buffer empty.
 *   pulse_player tone HZ AMPLITUDE SECONDS
 *       A sine generated from the frame index, so it repeats exactly: any
 *       sample a reader drops or doubles shows as a break in its period.
 *
 * It ends on SIGTERM or SIGINT, or after SECONDS at the latest. */

#include <math.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define RATE 48000
#define CHANNELS 2
#define CLICK_FRAMES (RATE / 1000)

struct player {
    pa_mainloop *loop;
    pa_stream *stream;
    int clicks;
    double hz, amplitude;
    uint64_t interval_frames;
    uint64_t frame;
    uint64_t end_frame;
};

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void on_write(pa_stream *stream, size_t bytes, void *data) {
    struct player *p = data;
    void *buffer = NULL;
    if (pa_stream_begin_write(stream, &buffer, &bytes) < 0 || buffer == NULL) return;
    float *out = buffer;
    size_t frames = bytes / (sizeof(float) * CHANNELS);
    uint64_t handed = now_ns();
    for (size_t i = 0; i < frames; ++i, ++p->frame) {
        float v = 0.0f;
        if (p->clicks) {
            uint64_t at = p->frame % p->interval_frames;
            if (at < CLICK_FRAMES) v = 0.4f;
            if (at == 0) printf("%llu\n", (unsigned long long)(handed + i * 1000000000ull / RATE));
        } else {
            /* The phase from the frame index modulo a whole number of periods
             * at 1 Hz resolution: exact, however long it plays. */
            double t = (double)(p->frame % RATE) / RATE;
            v = (float)(p->amplitude * sin(2.0 * M_PI * p->hz * t));
        }
        for (int c = 0; c < CHANNELS; ++c) out[i * CHANNELS + c] = v;
    }
    fflush(stdout);
    pa_stream_write(stream, buffer, frames * sizeof(float) * CHANNELS, NULL, 0, PA_SEEK_RELATIVE);
    if (p->frame >= p->end_frame) pa_mainloop_quit(p->loop, 0);
}

static void on_state(pa_context *context, void *data) {
    struct player *p = data;
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            pa_sample_spec format = {PA_SAMPLE_FLOAT32NE, RATE, CHANNELS};
            p->stream = pa_stream_new(context, "Benchmark signal player", &format, NULL);
            if (p->stream == NULL) {
                pa_mainloop_quit(p->loop, 1);
                return;
            }
            pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)pa_usec_to_bytes(10000, &format), (uint32_t)-1,
                                   (uint32_t)-1, (uint32_t)-1};
            pa_stream_set_write_callback(p->stream, on_write, p);
            if (pa_stream_connect_playback(p->stream, NULL, &attr, PA_STREAM_ADJUST_LATENCY, NULL, NULL) < 0)
                pa_mainloop_quit(p->loop, 1);
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: pa_mainloop_quit(p->loop, 1); break;
        default: break;
    }
}

static void on_signal(int signo) {
    (void)signo;
    _exit(0);
}

int main(int argc, char **argv) {
    struct player p;
    memset(&p, 0, sizeof p);
    double seconds;
    if (argc == 4 && strcmp(argv[1], "clicks") == 0) {
        p.clicks = 1;
        p.interval_frames = (uint64_t)(atof(argv[2]) * RATE / 1000.0);
        seconds = atof(argv[3]);
    } else if (argc == 5 && strcmp(argv[1], "tone") == 0) {
        p.hz = atof(argv[2]);
        p.amplitude = atof(argv[3]);
        seconds = atof(argv[4]);
    } else {
        fprintf(stderr, "usage: pulse_player clicks INTERVAL_MS SECONDS | tone HZ AMPLITUDE SECONDS\n");
        return 2;
    }
    if (p.clicks && p.interval_frames < CLICK_FRAMES * 2) return 2;
    p.end_frame = (uint64_t)(seconds * RATE);
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    p.loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(p.loop), "Benchmark signal player");
    pa_context_set_state_callback(context, on_state, &p);
    if (pa_context_connect(context, NULL, PA_CONTEXT_NOAUTOSPAWN, NULL) < 0) return 1;
    int status = 0;
    pa_mainloop_run(p.loop, &status);
    return status;
}
