// The built-in pictures (generated from assets/*.png by tools/).
#pragma once

#include "gui/t4170gui.h"

// Unpacks the pictures' pixels, once: 0 when they are ready, 1 when they cannot
// be unpacked (no memory). GuiInit calls it; whatever reads the pixels without
// an open display (tests, tools) calls it first.
int GuiLoadPictures(void);

extern IMAGE_A555 dlg1, dlg2, dlgUpt, msg0, msg1;
extern IMAGE_A555 yes0, yes1, no0, no1;
extern IMAGE_A555 proc0, proc1, proc2, proc3, proc4, proc5;
extern IMAGE_A555 chr_33, chr_45, chr_46, chr_48, chr_49, chr_50, chr_51, chr_52, chr_53, chr_54, chr_55, chr_56,
    chr_57, chr_58, chr_63;
extern IMAGE_A555 chr_65, chr_66, chr_67, chr_68, chr_69, chr_70, chr_71, chr_72, chr_73, chr_74, chr_75, chr_76,
    chr_77, chr_78, chr_79, chr_80, chr_81, chr_82, chr_83, chr_84, chr_85, chr_86, chr_87, chr_88, chr_89, chr_90;
extern IMAGE_A555 chr_95;
extern IMAGE_A555 chr_97, chr_98, chr_99, chr_100, chr_101, chr_102, chr_103, chr_104, chr_105, chr_106, chr_107,
    chr_108, chr_109, chr_110, chr_111, chr_112, chr_113, chr_114, chr_115, chr_116, chr_117, chr_118, chr_119,
    chr_120, chr_121, chr_122;
