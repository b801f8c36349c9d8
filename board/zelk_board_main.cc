// Placeholder until the simulated board lands.
int main() { return 1; }
