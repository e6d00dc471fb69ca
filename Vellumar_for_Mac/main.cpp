#include <cstdio>

int main()
{
    std::puts("Vellumar for Mac: the reply engine is being built; the menu-bar application does not exist yet.");
    return 0;
}
