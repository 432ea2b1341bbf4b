// Stand-in: sample-buffer inspection and copy, time values, and the audio
// buffer list the copy fills.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>

typedef long CMItemCount;

typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
typedef const struct opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;

typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef uint32_t CMTimeFlags;
typedef int64_t CMTimeEpoch;
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;

typedef struct AudioBuffer {
    uint32_t mNumberChannels;
    uint32_t mDataByteSize;
    void* mData;
} AudioBuffer;

typedef struct AudioBufferList {
    uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

extern "C" {
CMTime CMTimeMake(int64_t value, int32_t timescale);
Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf);
Boolean CMSampleBufferDataIsReady(CMSampleBufferRef sbuf);
CMItemCount CMSampleBufferGetNumSamples(CMSampleBufferRef sbuf);
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf);
OSStatus CMSampleBufferCopyPCMDataIntoAudioBufferList(CMSampleBufferRef sbuf, int32_t frameOffset,
                                                      int32_t numFrames, AudioBufferList* bufferList);
}
