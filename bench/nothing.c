/* The floor under every process start: a static C program that does nothing
 * (no dynamic loader, no shared library). */
int main(void)
{
    return 0;
}
