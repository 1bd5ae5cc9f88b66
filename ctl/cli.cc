// PLACEHOLDER: replaced by the control tool work.
int main() { return 1; }
