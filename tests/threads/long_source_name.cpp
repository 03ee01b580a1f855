// A context captured in a function whose source file name is longer than a
// formatted call-stack line, as deeply nested generated sources can be.

#include "tests/threads/stack_test_support.h"

#line 8 "/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/a_folder_nested_deeply/long_source_name.cpp"
STACK_TEST_NOINLINE CapturedContext CaptureInLongNamedFile() {
  CapturedContext captured{};
  captured.file = __FILE__;
  // One line, so that the address after the call and __LINE__ agree.
  // clang-format off
  RtlCaptureContext(&captured.context); captured.line = __LINE__;
  // clang-format on
  return captured;
}
