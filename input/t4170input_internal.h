// The stages of the key input service, visible to its tests.
#pragma once

#include "input/tparser.h"

void* input_thread(void* arg);
int do_parser(void* data, int size);
int key_decode(BYTE* address, BYTE* data);
int evt_pro(void* data, int size);
