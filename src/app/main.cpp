// zarvik: the player. Start-up and the frame loop live in src/core.
#include <cstdio>

int main() {
  std::puts("zarvik: start-up not built yet");
  return 0;
}
