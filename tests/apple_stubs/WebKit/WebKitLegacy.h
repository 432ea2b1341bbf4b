// Stand-in: the legacy WebKit interfaces that the macOS umbrella header still
// imports. Their classes are global and carry the short names (WebView,
// WebFrame, WebPreferences...), so a seam type of the same name made visible
// at file scope is ambiguous here as it is with the real SDK.
#pragma once

#include <AppKit/AppKit.h>
#include <Foundation/Foundation.h>

@class DOMDocument;
@class DOMNode;
@class DOMRange;

@interface WebPreferences : NSObject
@end

@interface WebDataSource : NSObject
@end

@interface WebFrame : NSObject
@end

@interface WebFrameView : NSView
@end

@interface WebBackForwardList : NSObject
@end

@interface WebHistoryItem : NSObject
@end

@interface WebHistory : NSObject
@end

@interface WebResource : NSObject
@end

@interface WebArchive : NSObject
@end

@interface WebDownload : NSObject
@end

@interface WebScriptObject : NSObject
@end

@interface WebUndefined : NSObject
@end

@interface WebNavigationData : NSObject
@end

@interface WebView : NSView
- (instancetype)initWithFrame:(NSRect)frame frameName:(NSString*)frameName groupName:(NSString*)groupName;
@property (readonly, strong) WebFrame* mainFrame;
@property (strong) WebPreferences* preferences;
@end

@protocol WebPolicyDecisionListener <NSObject>
- (void)use;
- (void)download;
- (void)ignore;
@end

@protocol WebUIDelegate <NSObject>
@end

@protocol WebFrameLoadDelegate <NSObject>
@end

@protocol WebPolicyDelegate <NSObject>
@end

@protocol WebResourceLoadDelegate <NSObject>
@end

@protocol WebDownloadDelegate <NSObject>
@end

@protocol WebEditingDelegate <NSObject>
@end

extern NSString* const WebKitErrorDomain;
extern NSString* const WebActionNavigationTypeKey;
extern NSString* const WebActionOriginalURLKey;
extern NSString* const WebElementDOMNodeKey;
extern NSString* const WebElementFrameKey;
extern NSString* const WebHistoryItemsAddedNotification;
