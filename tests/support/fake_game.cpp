// A stand-in for the game client: a real Windows program that just stays alive, so that
// launching and process detection can be tested for real. Ends by itself after 60 s.
#include <windows.h>

int main() {
    Sleep(60000);
    return 0;
}
