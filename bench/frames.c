/* Frame delivery in plain C, the yardstick for get_video_data and get_data_after_exp.
 *
 *   frames video|snap|live CAMERA WIDTH HEIGHT IMG_TYPE
 *
 * video and snap: per frame exactly the work those functions are documented to do,
 * through the same substitute SDK with frames ready at once (fast frames). For every
 * line "N" on standard input, delivers N frames and prints the CPU seconds of this
 * thread they took. Per frame:
 *   video: allocate, zero, ASIGetVideoData into it, free;
 *   snap:  ASIStartExposure, allocate, zero, ASIGetDataAfterExp into it, copy into a
 *          second new buffer (the bytes object the function returns), free both.
 *
 * live: real-time video (no fast frames) at the shortest exposure and full bandwidth.
 * For every line "S" on standard input, starts capture, reads frames for S seconds
 * and stops again, then prints "frames seconds". */
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ASICamera2.h"
#include "asisim.h"

static double clock_seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void check(const char* what, ASI_ERROR_CODE status) {
    if (status != ASI_SUCCESS) {
        fprintf(stderr, "frames: %s failed with status %d\n", what, (int)status);
        exit(1);
    }
}

/* Keeps the compiler from dropping a copy nobody reads. */
static volatile unsigned char sink;

static void video_frame(int camera, long size) {
    unsigned char* frame = malloc((size_t)size);
    if (frame == NULL)
        exit(1);
    memset(frame, 0, (size_t)size);
    check("ASIGetVideoData", ASIGetVideoData(camera, frame, size, 1000));
    sink = frame[size - 1];
    free(frame);
}

static void snap_frame(int camera, long size) {
    check("ASIStartExposure", ASIStartExposure(camera, ASI_FALSE));
    unsigned char* buffer = malloc((size_t)size);
    if (buffer == NULL)
        exit(1);
    memset(buffer, 0, (size_t)size);
    check("ASIGetDataAfterExp", ASIGetDataAfterExp(camera, buffer, size));
    unsigned char* copy = malloc((size_t)size);
    if (copy == NULL)
        exit(1);
    memcpy(copy, buffer, (size_t)size);
    sink = copy[size - 1];
    free(buffer);
    free(copy);
}

/* Real-time capture for `seconds`; the number of frames read. */
static long live_frames(int camera, long size, double seconds, double* elapsed) {
    unsigned char* frame = malloc((size_t)size);
    if (frame == NULL)
        exit(1);
    check("ASIStartVideoCapture", ASIStartVideoCapture(camera));
    check("ASIGetVideoData", ASIGetVideoData(camera, frame, size, 5000)); /* builds the scene */
    long frames = 0;
    const double start = clock_seconds(CLOCK_MONOTONIC);
    while (clock_seconds(CLOCK_MONOTONIC) - start < seconds) {
        check("ASIGetVideoData", ASIGetVideoData(camera, frame, size, 5000));
        ++frames;
    }
    *elapsed = clock_seconds(CLOCK_MONOTONIC) - start;
    check("ASIStopVideoCapture", ASIStopVideoCapture(camera));
    free(frame);
    return frames;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: frames video|snap|live CAMERA WIDTH HEIGHT IMG_TYPE\n");
        return 2;
    }
    const int video = strcmp(argv[1], "video") == 0;
    const int live = strcmp(argv[1], "live") == 0;
    const int camera = atoi(argv[2]);
    const int width = atoi(argv[3]), height = atoi(argv[4]);
    const ASI_IMG_TYPE type = (ASI_IMG_TYPE)atoi(argv[5]);
    const long size = (long)width * height * (type == ASI_IMG_RAW16 ? 2 : type == ASI_IMG_RGB24 ? 3 : 1);

    /* Freed frames stay with the allocator instead of going back to the system, so
     * every frame after the first reuses warm memory: the steady state a long-running
     * Python process reaches by glibc's own adaptive thresholds with one buffer per
     * frame, which this program's two buffers per snap would otherwise miss. */
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);

    asisim_reset();
    asisim_set_fast_frames(live ? 0 : ASISIM_FAST_FRAMES_KEEP_NOISE);
    check("ASIOpenCamera", ASIOpenCamera(camera));
    check("ASIInitCamera", ASIInitCamera(camera));
    check("ASISetROIFormat", ASISetROIFormat(camera, width, height, 1, type));
    if (live) {
        check("exposure", ASISetControlValue(camera, ASI_EXPOSURE, 32, ASI_FALSE));
        check("bandwidth", ASISetControlValue(camera, ASI_BANDWIDTHOVERLOAD, 100, ASI_FALSE));
        check("high speed", ASISetControlValue(camera, ASI_HIGH_SPEED_MODE, 1, ASI_FALSE));
        printf("ready\n");
        fflush(stdout);
        char line[64];
        while (fgets(line, sizeof line, stdin) != NULL) {
            double elapsed;
            const long frames = live_frames(camera, size, atof(line), &elapsed);
            printf("%ld %.9f\n", frames, elapsed);
            fflush(stdout);
        }
        ASICloseCamera(camera);
        return 0;
    }
    if (video)
        check("ASIStartVideoCapture", ASIStartVideoCapture(camera));
    /* The first frame of a format is rendered; every later one is the cached copy. */
    if (video)
        video_frame(camera, size);
    else
        snap_frame(camera, size);
    printf("ready\n");
    fflush(stdout);

    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
        const long frames = atol(line);
        const double start = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
        for (long i = 0; i < frames; ++i) {
            if (video)
                video_frame(camera, size);
            else
                snap_frame(camera, size);
        }
        printf("%.9f\n", clock_seconds(CLOCK_THREAD_CPUTIME_ID) - start);
        fflush(stdout);
    }
    if (video)
        ASIStopVideoCapture(camera);
    ASICloseCamera(camera);
    return 0;
}
