// Stand-in: Apple's assertion macros. The SDK defines them without the
// leading underscores unless told otherwise before the first import, and
// CoreServices imports them for every file that imports AppKit or the audio
// frameworks: any later `check(`, `verify(` or `require(` is rewritten by the
// preprocessor, in the project's code and in any header included after them.
#pragma once

#define __Check(assertion) ((void)sizeof(assertion))
#define __Verify(assertion) ((void)(assertion))
#define __Require(assertion, exceptionLabel) \
    do {                                     \
        if (!(assertion)) goto exceptionLabel; \
    } while (0)

#ifndef __ASSERT_MACROS_DEFINE_VERSIONS_WITHOUT_UNDERSCORES
#define __ASSERT_MACROS_DEFINE_VERSIONS_WITHOUT_UNDERSCORES 1
#endif

#if __ASSERT_MACROS_DEFINE_VERSIONS_WITHOUT_UNDERSCORES
#define check(assertion) __Check(assertion)
#define verify(assertion) __Verify(assertion)
#define require(assertion, exceptionLabel) __Require(assertion, exceptionLabel)
#define ncheck(assertion) __Check(!(assertion))
#define nverify(assertion) __Verify(!(assertion))
#define nrequire(assertion, exceptionLabel) __Require(!(assertion), exceptionLabel)
#define check_noerr(errorCode) __Check(0 == (errorCode))
#define verify_noerr(errorCode) __Verify(0 == (errorCode))
#define require_noerr(errorCode, exceptionLabel) __Require(0 == (errorCode), exceptionLabel)
#define check_string(assertion, message) __Check(assertion)
#define verify_string(assertion, message) __Verify(assertion)
#define require_string(assertion, exceptionLabel, message) __Require(assertion, exceptionLabel)
#define verify_action(assertion, action) \
    do {                                 \
        if (!(assertion)) { action; }    \
    } while (0)
#define require_action(assertion, exceptionLabel, action) \
    do {                                                  \
        if (!(assertion)) {                               \
            { action; }                                   \
            goto exceptionLabel;                          \
        }                                                 \
    } while (0)
#define require_quiet(assertion, exceptionLabel) __Require(assertion, exceptionLabel)
#define require_noerr_quiet(errorCode, exceptionLabel) __Require(0 == (errorCode), exceptionLabel)
#define require_action_quiet(assertion, exceptionLabel, action) require_action(assertion, exceptionLabel, action)
#define require_noerr_action(errorCode, exceptionLabel, action) require_action(0 == (errorCode), exceptionLabel, action)
#define check_compile_time(expr) static_assert(expr, #expr)
#define debug_string(message) ((void)0)
#endif
