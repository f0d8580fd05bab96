/*
 * A program for the board whose main returns 3 at once: linked with the
 * board's startup code and system calls, it shows that the program's end
 * hands main's status to the debugger (and to tl500-sim --image).
 */
void SystemInit(void);
int main(void);

void SystemInit(void) {}

int main(void) { return 3; }
