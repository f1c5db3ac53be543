// Placeholder entry; replaced by the agent's start-up.
int main() { return 0; }
