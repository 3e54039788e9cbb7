// The dashboard's files, embedded in zavctl by cmake/embed-assets.cmake.
#pragma once

#include <cstddef>

namespace zavctl {

struct Asset {
    const char *path; // as requested, e.g. "/app.js"
    const char *content_type;
    const unsigned char *data;
    std::size_t size;
};

extern const Asset kDashboardAssets[];
extern const std::size_t kDashboardAssetCount;

} // namespace zavctl
