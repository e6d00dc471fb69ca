// An owned POSIX file descriptor, closed when its owner goes; see Platform/FileDescriptor.h.
#pragma once

#include "Platform/FileDescriptor.h"

namespace vellumar {

using platform::FileDescriptor;

}
