/* A playing application for the capture benchmark: a PipeWire playback stream
 * (48 kHz stereo float) that plays either clicks or a steady tone.
 *
 *   signal_player clicks INTERVAL_MS SECONDS
 *       A 1 ms click (0.4 full scale) at the start of the first buffer after
 *       each interval, silence between. For each click, one line on standard
 *       output: the CLOCK_MONOTONIC time in ns at which the graph asked for
 *       that buffer, which is when the click is handed over to be played.
 *       Whenever the graph's cycle changes length, one line "cycle FRAMES NS":
 *       its new length in frames at 48 kHz and when the first such cycle came.
 *   signal_player tone HZ AMPLITUDE SECONDS
 *       A sine generated from the frame index, so it repeats exactly: any
 *       sample a reader drops or doubles shows as a break in its period.
 *   signal_player burst HZ AMPLITUDE SECONDS
 *       The same sine for SECONDS, faded in and out over 10 ms so that its
 *       edges stay near HZ, then silence: a short sound such as a
 *       notification.
 *
 * --name NAME before the mode sets the application name the stream carries
 * (default "Benchmark signal player").
 *
 * It ends on SIGTERM or SIGINT, or after SECONDS at the latest (a burst
 * 0.2 s after its sound). */

#include <math.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define RATE 48000
#define CHANNELS 2
#define CLICK_FRAMES (RATE / 1000)
#define FADE_FRAMES (RATE / 100)

struct player {
    struct pw_main_loop *loop;
    struct pw_stream *stream;
    int clicks;
    double hz, amplitude;
    uint64_t period_frames; /* tone: frames after which the sine repeats exactly */
    uint64_t interval_frames;
    uint64_t frame;
    uint64_t next_click;
    int click_left;
    uint64_t burst_frames; /* burst: frames of sound before silence; 0 for a tone */
    uint64_t cycle_frames; /* clicks: the cycle length last reported */
};

static uint64_t gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

static void on_process(void *userdata) {
    struct player *p = userdata;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct pw_buffer *b = pw_stream_dequeue_buffer(p->stream);
    if (b == NULL) return;
    struct spa_buffer *buf = b->buffer;
    float *dst = buf->datas[0].data;
    if (dst == NULL) return;
    const uint32_t stride = sizeof(float) * CHANNELS;
    uint32_t n = buf->datas[0].maxsize / stride;
    if (b->requested != 0 && b->requested < n) n = (uint32_t)b->requested;

    if (p->clicks && b->requested != 0 && b->requested != p->cycle_frames) {
        p->cycle_frames = b->requested;
        char line[64];
        const int len = snprintf(line, sizeof line, "cycle %llu %lld\n", (unsigned long long)b->requested,
                                 (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        const ssize_t written = write(STDOUT_FILENO, line, (size_t)len);
        (void)written;
    }
    if (p->clicks && p->frame >= p->next_click) {
        p->click_left = CLICK_FRAMES;
        p->next_click = p->frame + p->interval_frames;
        char line[32];
        const int len = snprintf(line, sizeof line, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        /* A short write to a pipe; a reader that went away only loses the line. */
        const ssize_t written = write(STDOUT_FILENO, line, (size_t)len);
        (void)written;
    }
    for (uint32_t i = 0; i < n; ++i) {
        float v = 0.0f;
        if (p->clicks) {
            if (p->click_left > 0) {
                v = 0.4f;
                --p->click_left;
            }
        } else if (p->burst_frames == 0 || p->frame < p->burst_frames) {
            const double t = (double)(p->frame % p->period_frames) / RATE;
            double gain = 1.0;
            if (p->burst_frames != 0) {
                const uint64_t edge = p->frame < p->burst_frames - p->frame ? p->frame : p->burst_frames - p->frame;
                if (edge < FADE_FRAMES) gain = 0.5 - 0.5 * cos(M_PI * (double)edge / FADE_FRAMES);
            }
            v = (float)(gain * p->amplitude * sin(2 * M_PI * p->hz * t));
        }
        for (int c = 0; c < CHANNELS; ++c) dst[i * CHANNELS + c] = v;
        ++p->frame;
    }
    buf->datas[0].chunk->offset = 0;
    buf->datas[0].chunk->stride = (int32_t)stride;
    buf->datas[0].chunk->size = n * stride;
    pw_stream_queue_buffer(p->stream, b);
}

static const struct pw_stream_events stream_events = {
    PW_VERSION_STREAM_EVENTS,
    .process = on_process,
};

static void quit(void *userdata, int signal_number) {
    (void)signal_number;
    struct player *p = userdata;
    pw_main_loop_quit(p->loop);
}

static void deadline(void *userdata, uint64_t expirations) {
    (void)expirations;
    struct player *p = userdata;
    pw_main_loop_quit(p->loop);
}

static int usage(void) {
    fprintf(stderr, "usage: signal_player [--name NAME] clicks INTERVAL_MS SECONDS\n"
                    "       signal_player [--name NAME] tone|burst HZ AMPLITUDE SECONDS\n");
    return 2;
}

int main(int argc, char **argv) {
    struct player p;
    memset(&p, 0, sizeof p);
    double seconds;
    const char *name = "Benchmark signal player";
    char **args = argv;
    int nargs = argc;
    if (nargs >= 3 && strcmp(args[1], "--name") == 0) {
        name = args[2];
        args += 2;
        nargs -= 2;
    }
    const int burst = nargs == 5 && strcmp(args[1], "burst") == 0;
    if (nargs == 4 && strcmp(args[1], "clicks") == 0) {
        p.clicks = 1;
        p.interval_frames = (uint64_t)(atof(args[2]) * RATE / 1000);
        seconds = atof(args[3]);
    } else if (nargs == 5 && (strcmp(args[1], "tone") == 0 || burst)) {
        p.hz = atof(args[2]);
        p.amplitude = atof(args[3]);
        seconds = atof(args[4]);
        const uint64_t whole_hz = (uint64_t)p.hz;
        if ((double)whole_hz != p.hz || whole_hz == 0) return usage();
        p.period_frames = RATE / gcd(RATE, whole_hz);
        if (burst) {
            p.burst_frames = (uint64_t)(seconds * RATE);
            if (p.burst_frames < 2 * FADE_FRAMES) return usage();
            seconds += 0.2;
        }
    } else {
        return usage();
    }
    if (seconds <= 0 || (p.clicks && p.interval_frames == 0)) return usage();

    /* The configuration pw-play uses: its rt module runs the process callback
     * at realtime priority, as a real player's is. At an ordinary priority
     * this player, not the reader under test, is what misses cycles on a
     * loaded machine, and every reader hears that as a break. From 1.3.81
     * client.conf loads the module itself and client-rt.conf is gone. */
    int major = 0, minor = 0, micro = 0;
    sscanf(pw_get_library_version(), "%d.%d.%d", &major, &minor, &micro);
    int rt_in_client_conf = major > 1 || (major == 1 && (minor > 3 || (minor == 3 && micro >= 81)));
    setenv("PIPEWIRE_CONFIG_NAME", rt_in_client_conf ? "client.conf" : "client-rt.conf", 0);
    pw_init(&argc, &argv);
    p.loop = pw_main_loop_new(NULL);
    struct pw_loop *loop = pw_main_loop_get_loop(p.loop);
    pw_loop_add_signal(loop, SIGINT, quit, &p);
    pw_loop_add_signal(loop, SIGTERM, quit, &p);
    struct spa_source *timer = pw_loop_add_timer(loop, deadline, &p);
    struct timespec after = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    pw_loop_update_timer(loop, timer, &after, NULL, false);

    p.stream = pw_stream_new_simple(
        loop, p.clicks ? "bench-clicks" : "bench-tone",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                          "Music", PW_KEY_APP_NAME, name, NULL),
        &stream_events, &p);

    uint8_t pod[1024];
    struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    struct spa_audio_info_raw info;
    memset(&info, 0, sizeof info);
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = RATE;
    info.channels = CHANNELS;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const struct spa_pod *params[1];
    params[0] = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);

    pw_stream_connect(p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS, params, 1);
    pw_main_loop_run(p.loop);

    pw_stream_destroy(p.stream);
    pw_main_loop_destroy(p.loop);
    pw_deinit();
    return 0;
}
