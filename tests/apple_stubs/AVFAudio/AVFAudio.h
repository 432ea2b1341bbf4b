// Stand-in: audio formats, PCM buffers and the block-fed converter.
#pragma once

#include <CoreMedia/CoreMedia.h>
#include <CoreServices/CoreServices.h>
#include <Foundation/Foundation.h>

typedef uint32_t AVAudioChannelCount;
typedef uint32_t AVAudioFrameCount;
typedef uint32_t AVAudioPacketCount;

typedef NS_ENUM(NSUInteger, AVAudioCommonFormat){
    AVAudioOtherFormat = 0,
    AVAudioPCMFormatFloat32 = 1,
    AVAudioPCMFormatFloat64 = 2,
    AVAudioPCMFormatInt16 = 3,
    AVAudioPCMFormatInt32 = 4,
};

@interface AVAudioFormat : NSObject
- (instancetype)initWithCommonFormat:(AVAudioCommonFormat)format
                          sampleRate:(double)sampleRate
                            channels:(AVAudioChannelCount)channels
                         interleaved:(BOOL)interleaved;
- (instancetype)initWithCMAudioFormatDescription:(CMAudioFormatDescriptionRef)formatDescription;
@property (readonly) AVAudioCommonFormat commonFormat;
@property (readonly) double sampleRate;
@property (readonly) AVAudioChannelCount channelCount;
@property (readonly, getter=isInterleaved) BOOL interleaved;
@end

@interface AVAudioBuffer : NSObject
@property (readonly) AVAudioFormat* format;
@property (readonly) AudioBufferList* mutableAudioBufferList;
@end

@interface AVAudioPCMBuffer : AVAudioBuffer
- (instancetype)initWithPCMFormat:(AVAudioFormat*)format frameCapacity:(AVAudioFrameCount)frameCapacity;
@property (readonly) AVAudioFrameCount frameCapacity;
@property AVAudioFrameCount frameLength;
@property (readonly) int16_t* const* int16ChannelData;
@end

typedef NS_ENUM(NSInteger, AVAudioConverterInputStatus){
    AVAudioConverterInputStatus_HaveData = 0,
    AVAudioConverterInputStatus_NoDataNow = 1,
    AVAudioConverterInputStatus_EndOfStream = 2,
};

typedef NS_ENUM(NSInteger, AVAudioConverterOutputStatus){
    AVAudioConverterOutputStatus_HaveData = 0,
    AVAudioConverterOutputStatus_InputRanDry = 1,
    AVAudioConverterOutputStatus_EndOfStream = 2,
    AVAudioConverterOutputStatus_Error = 3,
};

typedef AVAudioBuffer* (^AVAudioConverterInputBlock)(AVAudioPacketCount inNumberOfPackets,
                                                      AVAudioConverterInputStatus* outStatus);

@interface AVAudioConverter : NSObject
- (instancetype)initFromFormat:(AVAudioFormat*)fromFormat toFormat:(AVAudioFormat*)toFormat;
- (AVAudioConverterOutputStatus)convertToBuffer:(AVAudioBuffer*)outputBuffer
                                          error:(NSError**)outError
                             withInputFromBlock:(AVAudioConverterInputBlock)inputBlock;
@end
