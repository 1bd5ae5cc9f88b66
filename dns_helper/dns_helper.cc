// PLACEHOLDER: replaced by the DNS helper work.
int main() { return 1; }
