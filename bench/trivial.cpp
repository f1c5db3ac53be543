// The yardstick of the DES request: a trivial C++ program, built as such a
// program is by default (the C++ runtime as shared libraries, which the
// linker leaves out when nothing of them is used).
int main()
{
    return 0;
}
