// Placeholder until the entry point lands.
int main() { return 2; }
