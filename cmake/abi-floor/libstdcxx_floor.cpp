// Linked into the board module only. A size-optimised build calls a few
// libstdc++ entry points out of line that the library got after the board's
// floor (GCC 5's libstdc++). Each is defined here from the same headers;
// the module's version script keeps them local, so the module's own calls
// bind to these copies and nothing of the loading process is interposed.
#include <new>
#include <sstream>

#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 9
// The separate default constructors of the string streams (GLIBCXX_3.4.26).
template std::basic_stringbuf<char>::basic_stringbuf();
template std::basic_ostringstream<char>::basic_ostringstream();
#endif

#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
// The allocators' throw for an impossible array size (GLIBCXX_3.4.29).
namespace std {
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
}  // namespace std
#endif
