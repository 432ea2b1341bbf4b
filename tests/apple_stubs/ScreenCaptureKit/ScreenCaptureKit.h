// Stand-in: the shareable-content query, the display form of the content
// filter, the stream configuration and the capture stream with its output and
// delegate roles and its filter update.
#pragma once

#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <sys/types.h>

typedef uint32_t CGDirectDisplayID;

@interface SCDisplay : NSObject
@property (readonly) CGDirectDisplayID displayID;
@end

@interface SCRunningApplication : NSObject
@property (readonly) NSString* bundleIdentifier;
@property (readonly) NSString* applicationName;
@property (readonly) pid_t processID;
@end

@interface SCWindow : NSObject
@end

@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:(void (^)(SCShareableContent* shareableContent,
                                                             NSError* error))completionHandler;
@property (readonly) NSArray<SCDisplay*>* displays;
@property (readonly) NSArray<SCRunningApplication*>* applications;
@end

@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display
          excludingApplications:(NSArray<SCRunningApplication*>*)applications
               exceptingWindows:(NSArray<SCWindow*>*)exceptingWindows;
@end

@interface SCStreamConfiguration : NSObject
@property (assign) BOOL capturesAudio;
@property (assign) BOOL excludesCurrentProcessAudio;
@property (assign) NSInteger sampleRate;
@property (assign) NSInteger channelCount;
@property (assign) size_t width;
@property (assign) size_t height;
@property (assign) CMTime minimumFrameInterval;
@property (assign) BOOL showsCursor;
@end

typedef NS_ENUM(NSInteger, SCStreamOutputType){
    SCStreamOutputTypeScreen = 0,
    SCStreamOutputTypeAudio = 1,
    SCStreamOutputTypeMicrophone = 2,
};

@class SCStream;

// The platform marks both roles' methods optional; they are required here so
// that a bridge which forgets one, or misspells it, does not pass.
@protocol SCStreamOutput <NSObject>
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

@protocol SCStreamDelegate <NSObject>
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

@interface SCStream : NSObject
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(id<SCStreamDelegate>)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(dispatch_queue_t)sampleHandlerQueue
                  error:(NSError**)error;
- (void)updateContentFilter:(SCContentFilter*)contentFilter
          completionHandler:(void (^)(NSError* error))completionHandler;
- (void)startCaptureWithCompletionHandler:(void (^)(NSError* error))completionHandler;
- (void)stopCaptureWithCompletionHandler:(void (^)(NSError* error))completionHandler;
@end
