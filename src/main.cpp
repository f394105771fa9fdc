// Binds the program to the real process: arguments, the posix backend, the exit code.
#include <cstdio>

int main() {
  std::fputs("Kestrelink 6.10r57\r\n", stdout);
  return 1;
}
