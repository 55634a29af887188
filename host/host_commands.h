// The host's commands, looked up by name through its GetCommandName callback.
#ifndef QUILLMOTE_HOST_HOST_COMMANDS_H
#define QUILLMOTE_HOST_HOST_COMMANDS_H

#include <cstdint>

#include "host/host_services.h"

// The name of command `index` in `name`, always terminated even when the
// host fills the whole buffer; false when the host says the command is not
// valid.
bool HostCommandName(HostGetCommandNameFn getCommandName, int32_t index,
                     char (&name)[kCommandNameSize]);

// Which command wins when several valid ones have the name.
enum class HostCommandMatch { kFirst, kLast };

// The index of the valid command named exactly `name` (byte for byte), or
// -1. kFirst stops at the first match; kLast asks for every command.
int32_t FindHostCommand(HostGetCommandNameFn getCommandName, int32_t commandCount, const char* name,
                        HostCommandMatch match);

#endif
