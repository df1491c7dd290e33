// The link to the key controller device.
#pragma once

int tcom_init(const char* path);
int tcom_read(int fd, void* buf, int size);
void tcom_write(int fd, const void* data, int len);
int tcom_close(int fd);
