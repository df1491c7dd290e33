// Framebuffer display: open, blit 16-bit images, draw text from glyph images.
#pragma once

#include <cstdint>

struct IMAGE_A555 {
    int32_t reserved, width, height, bpp, pitch, size;
    const uint8_t* data;
};

// Dialog origin: top-left corner of the 272 x 126 dialog window on the screen.
extern int DLG_X;
extern int DLG_Y;

int GuiInit(void);
int GuiEnd(void);
int GuiShowImage(int x, int y, IMAGE_A555* img);
void setXYDlg(int x, int y);
int GuiShowString(int x, int y, const char* text);
