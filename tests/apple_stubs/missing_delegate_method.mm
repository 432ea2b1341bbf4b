// Must not compile: the stream delegate's stop report is left out.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

@interface IncompleteBridge : NSObject <SCStreamOutput, SCStreamDelegate>
@end

@implementation IncompleteBridge
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    (void)sampleBuffer;
    (void)type;
}
@end
