// Internal entry points of the core that are not part of the public interface:
// the load and unload hooks (called by each platform backend) and a look at a
// servo image for the unit tests.
#pragma once

#include <cstdint>

#include "zavlib.h"

void zav_library_load();
void zav_library_unload();

// Copies the ten image bytes of servo id (0 to 31) of an open port; no bus traffic.
bool zav_peek_image(PortHandle handle, uint8_t id, uint8_t out[ZAV_REGISTER_COUNT]);
