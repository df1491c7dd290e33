// Push parser for the key controller's sentences ("$ADDR,DATA*CS\r\n").
#pragma once

#include <cstdint>

typedef unsigned char BYTE;

struct tparser_t {
    int32_t state;
    uint8_t checksum;
    uint8_t rx_checksum;
    BYTE address[9];
    BYTE data[83];
    int32_t count;
    int (*decode)(BYTE* address, BYTE* data);
};

int tparser_init(tparser_t* tparserp, int (*decode)(BYTE* address, BYTE* data));
int tparser_parser(tparser_t* tparserp, const BYTE* str, int len);
