#include "tools/common/console_stop.h"

#include "support/fs/unique_handle.h"

namespace tools {

namespace {

// The handler runs on a thread the system creates, with no context argument.
UniqueHandle g_stopEvent;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      SetEvent(g_stopEvent.get());
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

ConsoleStop::ConsoleStop() {
  g_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

ConsoleStop::~ConsoleStop() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_stopEvent.reset();
}

HANDLE ConsoleStop::Event() const { return g_stopEvent.get(); }

bool ConsoleStop::Requested() const { return WaitForSingleObject(g_stopEvent.get(), 0) == WAIT_OBJECT_0; }

}  // namespace tools
