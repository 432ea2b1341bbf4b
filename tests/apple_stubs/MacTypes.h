// Stand-in: the classic Mac types that CoreFoundation brings into every file
// that imports Foundation. They are global and unprefixed (Point, Rect, Size,
// Style, the text-style constants...), so a name of the same spelling made
// visible at file scope collides with them as it does with the real SDK.
#pragma once

#include <stdint.h>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef SInt32 Fixed;
typedef Fixed* FixedPtr;
typedef SInt32 Fract;
typedef UInt32 UnsignedFixed;
typedef short ShortFixed;
typedef float Float32;
typedef double Float64;

typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef void* LogicalAddress;
typedef UInt32 PBVersion;
typedef unsigned char Boolean;
typedef long (*ProcPtr)(void);
typedef ProcPtr* ProcHandle;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef unsigned long ByteCount;
typedef unsigned long ByteOffset;
typedef SInt32 Duration;
typedef UInt32 OptionBits;
typedef unsigned long ItemCount;
typedef SInt16 ScriptCode;
typedef SInt16 LangCode;
typedef SInt16 RegionCode;
typedef UInt16 UniChar;
typedef unsigned long UniCharCount;
typedef UInt32 UTF32Char;
typedef UInt16 UTF16Char;
typedef UInt8 UTF8Char;
typedef UInt8 Byte;
typedef SInt8 SignedByte;

struct wide { UInt32 lo; SInt32 hi; };
typedef struct wide wide;
struct UnsignedWide { UInt32 lo; UInt32 hi; };
typedef struct UnsignedWide UnsignedWide;
typedef UnsignedWide AbsoluteTime;

typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef unsigned char Str32[33];
typedef unsigned char Str31[32];
typedef unsigned char Str15[16];
typedef unsigned char* StringPtr;
typedef StringPtr* StringHandle;
typedef const unsigned char* ConstStringPtr;
typedef const unsigned char* ConstStr255Param;

struct Point {
    short v;
    short h;
};
typedef struct Point Point;
typedef Point* PointPtr;

struct Rect {
    short top;
    short left;
    short bottom;
    short right;
};
typedef struct Rect Rect;
typedef Rect* RectPtr;

struct FixedPoint { Fixed x; Fixed y; };
typedef struct FixedPoint FixedPoint;
struct FixedRect { Fixed left; Fixed top; Fixed right; Fixed bottom; };
typedef struct FixedRect FixedRect;

typedef SInt32 TimeValue;
typedef SInt32 TimeScale;
typedef wide CompTimeValue;
typedef struct TimeBaseRecord* TimeBase;
struct TimeRecord { CompTimeValue value; TimeScale scale; TimeBase base; };
typedef struct TimeRecord TimeRecord;

struct NumVersion { UInt8 nonRelRev; UInt8 stage; UInt8 minorAndBugRev; UInt8 majorRev; };
typedef struct NumVersion NumVersion;

enum { normal = 0, bold = 1, italic = 2, underline = 4, outline = 8, shadow = 0x10, condense = 0x20, extend = 0x40 };
typedef unsigned char Style;
typedef short StyleParameter;
typedef Style StyleField;

typedef UInt8 VHSelect;
enum { v = 0, h = 1 };

enum { noErr = 0 };
enum { kNilOptions = 0 };
enum { kVariableLengthArray = 1 };
enum { kUnknownType = 0x3F3F3F3F };

extern "C" {
void Debugger(void);
void DebugStr(ConstStr255Param debuggerMsg);
void SysBreak(void);
}
