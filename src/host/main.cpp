// kestrel-host: placeholder until the host program lands.
int main() { return 0; }
