#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 312
#endif
#include <fuse_lowlevel.h>

namespace nimbuscrate::fp::host {

// The kernel adapter: the file-system calls of a FUSE session whose user
// data is a DomainMount, each turned into a request to the mount and
// answered from its result (errno values as they are; an extension's error
// through errnoFor). Every call goes through one guard that catches what
// escapes it, logs it and answers EIO, so the mount goes on. No call holds a
// lock of the mount across its reply: a reply may let a release free the
// handle it names.
const fuse_lowlevel_ops& kernelOperations();

}  // namespace nimbuscrate::fp::host
