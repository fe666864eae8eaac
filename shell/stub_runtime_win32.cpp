// Replacements for two corners of the C++ runtime, linked into the stub only,
// where they keep about 120 KB of library code out of the file. Each one is
// found in our objects before the static runtime library is searched, so the
// library's own member is never pulled in; that member defines exactly the
// functions below, all of which must stay defined here.
//
// 1. The default handler of an uncaught exception prints the exception's
//    demangled type and brings in a demangler and a printf of its own. The
//    unpacker catches what it throws, and a GUI program has nowhere to print:
//    end the process instead.
// 2. The library's error raisers (std::__throw_length_error and kin, used by
//    the containers and strings) build std::logic_error and friends, whose
//    strings are a second, copy-on-write string implementation with its own
//    instantiations. Here they raise the system's own Exception with the same
//    text, which the unpacker's handlers catch like every other error.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

#include "platform/exception.h"

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_exception() { throw std::bad_exception(); }
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
void __throw_bad_cast() { throw std::bad_cast(); }
void __throw_bad_typeid() { throw std::bad_typeid(); }
void __throw_logic_error(const char* s) { throw Exception(s); }
void __throw_domain_error(const char* s) { throw Exception(s); }
void __throw_invalid_argument(const char* s) { throw Exception(s); }
void __throw_length_error(const char* s) { throw Exception(s); }
void __throw_out_of_range(const char* s) { throw Exception(s); }
void __throw_out_of_range_fmt(const char* s, ...) { throw Exception(s); }
void __throw_runtime_error(const char* s) { throw Exception(s); }
void __throw_range_error(const char* s) { throw Exception(s); }
void __throw_overflow_error(const char* s) { throw Exception(s); }
void __throw_underflow_error(const char* s) { throw Exception(s); }
}  // namespace std
