#include "host/host_commands.h"

#include <cstring>

bool HostCommandName(HostGetCommandNameFn getCommandName, int32_t index,
                     char (&name)[kCommandNameSize]) {
  name[0] = 0;
  int32_t valid = 0;
  getCommandName(index, name, static_cast<int32_t>(sizeof name), &valid);
  name[sizeof name - 1] = 0;
  return valid != 0;
}

int32_t FindHostCommand(HostGetCommandNameFn getCommandName, int32_t commandCount, const char* name,
                        HostCommandMatch match) {
  if (getCommandName == nullptr) return -1;
  int32_t found = -1;
  for (int32_t index = 0; index < commandCount; ++index) {
    char candidate[kCommandNameSize];
    if (!HostCommandName(getCommandName, index, candidate)) continue;
    if (std::strcmp(candidate, name) != 0) continue;
    found = index;
    if (match == HostCommandMatch::kFirst) break;
  }
  return found;
}
