// Small file operations and the file module's version text.
#pragma once

int file_ver(char* str, int len);
int file_get_data(const char* filename, void* buffer, long size);
long file_get_size(const char* filename);
