/*
 * blink: a small 8051 program to send with Corvane.
 *
 * Runs a single lit LED along port 1 (P1.0 ... P1.7 and back), one step
 * about every quarter second with a 12 MHz crystal. It fits every chip that
 * Corvane programs, the 2 KB 89C2051 included (the 2051 has P1 too).
 *
 * Build: sdcc -mmcs51 --code-size 2048 blink.c && packihx blink.ihx > blink.hex
 */
#include <8051.h>

/* About 1 ms per count with a 12 MHz crystal (12 clocks per machine cycle). */
static void delay_ms(unsigned int ms) {
    unsigned char i;
    while (ms--) {
        for (i = 250; i != 0; i--) {
            __asm__("nop");
            __asm__("nop");
        }
    }
}

void main(void) {
    unsigned char led = 0x01;
    signed char step = 1;

    for (;;) {
        P1 = (unsigned char)~led; /* LEDs to VCC: a low pin lights one */
        delay_ms(250);
        if (step > 0) {
            led <<= 1;
            if (led == 0x80) step = -1;
        } else {
            led >>= 1;
            if (led == 0x01) step = 1;
        }
    }
}
