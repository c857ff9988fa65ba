// The entries of libvelmora_pictures.so, looked up by name when the first
// picture is drawn. Each draws one picture into a PNG at path and returns 0,
// or writes what went wrong into problem (size bytes) and returns 1: no
// exception crosses the library's boundary.
#pragma once

#include <cstddef>

#include "pictures/views.h"

namespace velmora {

inline constexpr const char* kPicturesLibrary = "libvelmora_pictures.so";

using DrawScene = int (*)(const Scene*, const char* path, int width, int height, char* problem, std::size_t size);
using DrawPlan = int (*)(const PlanView*, const char* path, int width, int height, char* problem, std::size_t size);

}  // namespace velmora

#define VELMORA_DRAW_ENTRY __attribute__((visibility("default")))
extern "C" {
VELMORA_DRAW_ENTRY int velmora_draw_scene(const velmora::Scene* scene, const char* path, int width, int height, char* problem,
                                          std::size_t size);
VELMORA_DRAW_ENTRY int velmora_draw_plan(const velmora::PlanView* plan, const char* path, int width, int height,
                                         char* problem, std::size_t size);
}
