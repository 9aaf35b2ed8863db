#pragma once
// Only echo, as the console mode has it.
typedef unsigned int tcflag_t;
struct termios {
    tcflag_t c_lflag;
};
#define ECHO 0x0008
#define TCSANOW 0

#ifdef __cplusplus
extern "C" {
#endif
int tcgetattr(int fd, struct termios* t);
int tcsetattr(int fd, int when, const struct termios* t);
#ifdef __cplusplus
}
#endif
