// Stand-in: the web view, its configuration and preferences, navigation
// actions, security origins and the navigation and UI delegate roles.
#pragma once

#include <AppKit/AppKit.h>
#include <Foundation/Foundation.h>
#include <WebKit/WebKitLegacy.h>

@interface WKPreferences : NSObject
@end

@interface WKWebpagePreferences : NSObject
@property BOOL allowsContentJavaScript;
@end

@interface WKWebViewConfiguration : NSObject
@property (strong) WKPreferences* preferences;
@property (copy) WKWebpagePreferences* defaultWebpagePreferences;
@end

@interface WKNavigationAction : NSObject
@property (readonly, copy) NSURLRequest* request;
@end

@interface WKSecurityOrigin : NSObject
@property (readonly, copy) NSString* host;
@end

@interface WKFrameInfo : NSObject
@end

@interface WKWindowFeatures : NSObject
@end

@interface WKNavigation : NSObject
@end

typedef NS_ENUM(NSInteger, WKNavigationActionPolicy){
    WKNavigationActionPolicyCancel = 0,
    WKNavigationActionPolicyAllow = 1,
};

typedef NS_ENUM(NSInteger, WKPermissionDecision){
    WKPermissionDecisionPrompt = 0,
    WKPermissionDecisionGrant = 1,
    WKPermissionDecisionDeny = 2,
};

typedef NS_ENUM(NSInteger, WKMediaCaptureType){
    WKMediaCaptureTypeCamera = 0,
    WKMediaCaptureTypeMicrophone = 1,
    WKMediaCaptureTypeCameraAndMicrophone = 2,
};

@class WKWebView;

// The platform marks these optional; required here so that a bridge which
// leaves one out, or misspells it, does not pass.
@protocol WKNavigationDelegate <NSObject>
- (void)webView:(WKWebView*)webView
    decidePolicyForNavigationAction:(WKNavigationAction*)navigationAction
                    decisionHandler:(void (^)(WKNavigationActionPolicy))decisionHandler;
- (void)webView:(WKWebView*)webView didCommitNavigation:(WKNavigation*)navigation;
- (void)webViewWebContentProcessDidTerminate:(WKWebView*)webView;
@end

@protocol WKUIDelegate <NSObject>
- (WKWebView*)webView:(WKWebView*)webView
    createWebViewWithConfiguration:(WKWebViewConfiguration*)configuration
               forNavigationAction:(WKNavigationAction*)navigationAction
                    windowFeatures:(WKWindowFeatures*)windowFeatures;
- (void)webView:(WKWebView*)webView
    requestMediaCapturePermissionForOrigin:(WKSecurityOrigin*)origin
                          initiatedByFrame:(WKFrameInfo*)frame
                                      type:(WKMediaCaptureType)type
                           decisionHandler:(void (^)(WKPermissionDecision decision))decisionHandler;
@end

@interface WKWebView : NSView
- (instancetype)initWithFrame:(CGRect)frame configuration:(WKWebViewConfiguration*)configuration;
@property (weak) id<WKNavigationDelegate> navigationDelegate;
@property (weak) id<WKUIDelegate> UIDelegate;
@property (readonly, copy) NSURL* URL;
- (WKNavigation*)loadRequest:(NSURLRequest*)request;
@end
