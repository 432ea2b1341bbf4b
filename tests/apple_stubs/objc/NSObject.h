// Stand-in: the object base and the few runtime types every other stand-in
// builds on. Declarations only; nothing here is ever linked.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no
#define nil nullptr

typedef long NSInteger;
typedef unsigned long NSUInteger;

#define NS_ENUM(type, name) enum name : type name; enum name : type
#define NS_OPTIONS(type, name) enum name : type name; enum name : type

@class NSString;

@protocol NSObject
- (BOOL)isEqual:(id)object;
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject>
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init;
@end
