#pragma once

// Every correctly rounded result of the maths, and so every bit the library
// pins, rests on double arithmetic evaluated in double: the error-free
// transformations (Knuth's and Dekker's sums, Dekker's product), rounding by
// adding and subtracting 1.5 * 2^52, the rounding tests. A target that keeps
// intermediate results in a wider format breaks them all without a word:
// with the x87 unit of 32-bit x86 (FLT_EVAL_METHOD 2) exp(1) comes out as
// 2.7087. Such a target is refused here, when compiling. For 32-bit x86 the
// build asks GCC and Clang for SSE2 arithmetic (-msse2 -mfpmath=sse, in
// CMakeLists.txt); Visual C++ uses SSE2 there unless told /arch:IA32.

#if defined(__FLT_EVAL_METHOD__)  // GCC and Clang say it themselves
#  if __FLT_EVAL_METHOD__ != 0
#    error "QuelmarAlg needs double arithmetic evaluated in double (FLT_EVAL_METHOD 0): on 32-bit x86, compile with -msse2 -mfpmath=sse"
#  endif
#else
#  include <cfloat>
#  if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#    error "QuelmarAlg needs double arithmetic evaluated in double (FLT_EVAL_METHOD 0): on 32-bit x86, use SSE2 arithmetic"
#  endif
#endif

// The x87 unit itself, whatever the evaluation method claims.
#if defined(__i386__) && !defined(__SSE2_MATH__)
#  error "QuelmarAlg needs double arithmetic evaluated in double: on 32-bit x86, compile with -msse2 -mfpmath=sse"
#endif
#if defined(_M_IX86) && (!defined(_M_IX86_FP) || _M_IX86_FP < 2)
#  error "QuelmarAlg needs double arithmetic evaluated in double: on 32-bit x86, compile with /arch:SSE2"
#endif
