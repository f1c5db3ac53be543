// The yardstick of request_bench: a program that does nothing, built and
// linked the same way as the agent.
int main()
{
    return 0;
}
