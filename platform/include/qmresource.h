/*
 * How a module's compiled resources reach the platform's loader: the build
 * turns each .res file into a source file that calls these functions when
 * the module starts and ends (see cmake/embed_resources.cmake). `anchor` is
 * any address inside the module; `data` stays valid until detached.
 */
#ifndef QUILLMOTE_PLATFORM_QMRESOURCE_H
#define QUILLMOTE_PLATFORM_QMRESOURCE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 1 when the .res data was understood and attached, 0 otherwise
   (said on the debugger output too). */
__attribute__((visibility("default"))) int qm_attach_resources(const void* anchor, const void* data,
                                                               size_t size);
__attribute__((visibility("default"))) void qm_detach_resources(const void* data);

#ifdef __cplusplus
}
#endif

#endif
