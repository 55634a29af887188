#include <windows.h>

#include "framework/debug_output.h"

#include <cstdarg>

void WriteDebugLine(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  wvsprintfA(line, format, arguments);
  va_end(arguments);
  OutputDebugStringA(line);
}
