/* A C program that does nothing: the floor for a process's start-up. */
int main(void) { return 0; }
