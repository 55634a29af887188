# Turns a compiled resource file (.res) into a C++ source that hands its bytes
# to the platform's resource loader when the module that contains it starts.
# Run as: cmake -DINPUT=x.res -DOUTPUT=x.cpp -DNAME=x -P embed_resources.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${NAME}.res by embed_resources.cmake; edit the .rc instead.
#include <qmresource.h>

namespace {

const unsigned char kResources[${size}] = {
    ${bytes}
};

// The loader keys resources by module, found from this object's address; a
// library that is unloaded takes its resources with it.
struct Attachment {
  Attachment() { qm_attach_resources(kResources, kResources, sizeof kResources); }
  ~Attachment() { qm_detach_resources(kResources); }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;
};

const Attachment kAttachment;

}  // namespace
")
# Unchanged output keeps its time stamp, so nothing rebuilds for nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
