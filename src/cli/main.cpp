// kestrix, the console edition.
#include <cstdio>

int main(int argc, char** argv)
{
    (void)argv;
    std::printf("usage: kestrix INPUT [OUTPUT]\n");
    return argc > 1 ? 2 : 0;
}
