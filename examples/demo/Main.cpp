#include <cstdio>
int main() {
    std::puts("davro demo");
    return 0;
}
