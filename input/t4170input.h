// Key input service and controller commands.
#pragma once

int InputInit(void);
int InputEnd(void);
void InputSetHandler(void (*handler)(int code));
void beep(void);
void power(void);
