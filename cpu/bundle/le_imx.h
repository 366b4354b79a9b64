// IMX v2 containers: a bundle shipped as one file, unwrapped once to disk.
#pragma once

#include <string>

namespace le {

// True when path names a regular file that starts with "IMX\0" and version 2.
bool isImxV2File(const std::string& path);

// The directory to read bundle members from: a plain bundle directory as is,
// a container (named with or without ".imx", or by its unwrapped directory)
// unwrapped beside it or under LE_IMX_UNWRAP_ROOT, reused while unchanged.
std::string resolveBundlePath(const std::string& path);

}  // namespace le
