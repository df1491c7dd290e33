// Every built-in picture by name, with the size it must have.
#pragma once

#include <vector>

#include "gui/t4170img.h"

namespace guitest {

struct NamedPicture {
    const char* name;
    IMAGE_A555* image;
    int width;
    int height;
    char character;  // the glyph's character; 0 for the other pictures
};

inline const std::vector<NamedPicture>& all_pictures() {
    static const std::vector<NamedPicture> pictures = {
        {"dlg1", &dlg1, 272, 126, 0},
        {"dlg2", &dlg2, 272, 126, 0},
        {"dlgUpt", &dlgUpt, 272, 126, 0},
        {"msg0", &msg0, 272, 126, 0},
        {"msg1", &msg1, 272, 126, 0},
        {"yes0", &yes0, 42, 20, 0},
        {"yes1", &yes1, 42, 20, 0},
        {"no0", &no0, 42, 20, 0},
        {"no1", &no1, 42, 20, 0},
        {"proc0", &proc0, 50, 50, 0},
        {"proc1", &proc1, 50, 50, 0},
        {"proc2", &proc2, 50, 50, 0},
        {"proc3", &proc3, 50, 50, 0},
        {"proc4", &proc4, 50, 50, 0},
        {"proc5", &proc5, 50, 50, 0},
        {"chr_33", &chr_33, 3, 16, '!'},
        {"chr_45", &chr_45, 10, 16, '-'},
        {"chr_46", &chr_46, 3, 16, '.'},
        {"chr_48", &chr_48, 10, 16, '0'},
        {"chr_49", &chr_49, 10, 16, '1'},
        {"chr_50", &chr_50, 10, 16, '2'},
        {"chr_51", &chr_51, 10, 16, '3'},
        {"chr_52", &chr_52, 10, 16, '4'},
        {"chr_53", &chr_53, 10, 16, '5'},
        {"chr_54", &chr_54, 10, 16, '6'},
        {"chr_55", &chr_55, 10, 16, '7'},
        {"chr_56", &chr_56, 10, 16, '8'},
        {"chr_57", &chr_57, 10, 16, '9'},
        {"chr_58", &chr_58, 3, 16, ':'},
        {"chr_63", &chr_63, 10, 16, '?'},
        {"chr_65", &chr_65, 10, 16, 'A'},
        {"chr_66", &chr_66, 10, 16, 'B'},
        {"chr_67", &chr_67, 10, 16, 'C'},
        {"chr_68", &chr_68, 10, 16, 'D'},
        {"chr_69", &chr_69, 10, 16, 'E'},
        {"chr_70", &chr_70, 10, 16, 'F'},
        {"chr_71", &chr_71, 10, 16, 'G'},
        {"chr_72", &chr_72, 10, 16, 'H'},
        {"chr_73", &chr_73, 10, 16, 'I'},
        {"chr_74", &chr_74, 10, 16, 'J'},
        {"chr_75", &chr_75, 10, 16, 'K'},
        {"chr_76", &chr_76, 10, 16, 'L'},
        {"chr_77", &chr_77, 10, 16, 'M'},
        {"chr_78", &chr_78, 10, 16, 'N'},
        {"chr_79", &chr_79, 10, 16, 'O'},
        {"chr_80", &chr_80, 10, 16, 'P'},
        {"chr_81", &chr_81, 10, 16, 'Q'},
        {"chr_82", &chr_82, 10, 16, 'R'},
        {"chr_83", &chr_83, 10, 16, 'S'},
        {"chr_84", &chr_84, 10, 16, 'T'},
        {"chr_85", &chr_85, 10, 16, 'U'},
        {"chr_86", &chr_86, 10, 16, 'V'},
        {"chr_87", &chr_87, 10, 16, 'W'},
        {"chr_88", &chr_88, 10, 16, 'X'},
        {"chr_89", &chr_89, 10, 16, 'Y'},
        {"chr_90", &chr_90, 10, 16, 'Z'},
        {"chr_95", &chr_95, 10, 16, '_'},
        {"chr_97", &chr_97, 8, 16, 'a'},
        {"chr_98", &chr_98, 9, 16, 'b'},
        {"chr_99", &chr_99, 8, 16, 'c'},
        {"chr_100", &chr_100, 9, 16, 'd'},
        {"chr_101", &chr_101, 8, 16, 'e'},
        {"chr_102", &chr_102, 6, 16, 'f'},
        {"chr_103", &chr_103, 9, 16, 'g'},
        {"chr_104", &chr_104, 9, 16, 'h'},
        {"chr_105", &chr_105, 3, 16, 'i'},
        {"chr_106", &chr_106, 6, 16, 'j'},
        {"chr_107", &chr_107, 9, 16, 'k'},
        {"chr_108", &chr_108, 3, 16, 'l'},
        {"chr_109", &chr_109, 13, 16, 'm'},
        {"chr_110", &chr_110, 9, 16, 'n'},
        {"chr_111", &chr_111, 9, 16, 'o'},
        {"chr_112", &chr_112, 9, 16, 'p'},
        {"chr_113", &chr_113, 9, 16, 'q'},
        {"chr_114", &chr_114, 7, 16, 'r'},
        {"chr_115", &chr_115, 7, 16, 's'},
        {"chr_116", &chr_116, 7, 16, 't'},
        {"chr_117", &chr_117, 9, 16, 'u'},
        {"chr_118", &chr_118, 8, 16, 'v'},
        {"chr_119", &chr_119, 13, 16, 'w'},
        {"chr_120", &chr_120, 8, 16, 'x'},
        {"chr_121", &chr_121, 8, 16, 'y'},
        {"chr_122", &chr_122, 7, 16, 'z'},
    };
    return pictures;
}

}  // namespace guitest
