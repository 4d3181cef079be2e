// Whether an open descriptor is a regular file.
#pragma once

namespace plor {

// False for anything else, and when the kernel cannot tell.
bool isRegularFile(int fd);

}  // namespace plor
