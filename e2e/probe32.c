/* Runs only where 32-bit Windows programs can run: its exit code 32 tells
 * the tests that the i686 build can be tried on this machine. */
int main(void) { return 32; }
