// What the display module keeps between calls, visible to its tests and its
// benchmark; the device program uses only t4170gui.h.
#pragma once

#include <cstdint>

struct GuiCanvas {
    int width;
    int height;
    int bpp;
    int pitch;  // bytes per screen row
    std::uint8_t* buffer;
};

// How pictures are written into the screen: straight row copies on 16-bit
// screens, one converted pixel at a time on 32-bit xRGB8888 and 24-bit RGB888.
enum class GuiPixelWriter { none, copy16, xrgb8888, rgb888 };

// The canvas as GuiInit filled it (zero before the first successful GuiInit).
GuiCanvas GuiCurrentCanvas();
GuiPixelWriter GuiCurrentWriter();
// True between a successful GuiInit and the next GuiEnd.
bool GuiIsOpen();
