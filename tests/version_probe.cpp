// An executable that only carries a version block (or none) for the version
// tests to read from its file.
int main() { return 0; }
