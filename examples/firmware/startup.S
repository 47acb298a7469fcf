; Start-up code for the example firmware on an MSP430F149.
;
; After a reset the CPU fetches the reset vector at 0xFFFE and starts here with interrupts off and
; the watchdog running. The reset handler sets the stack to the top of RAM, copies the initialised
; data from flash to RAM, clears the zero-initialised data, and calls main. main is expected never
; to return; if it does, the chip is reset through the watchdog.

        .section .text.startup_reset,"ax",@progbits
        .global reset_handler
        .type reset_handler,@function
reset_handler:
        mov     #__stack_top, r1

        ; .data: from its load address in flash to its place in RAM.
        mov     #__data_load, r12
        mov     #__data_start, r13
1:      cmp     #__data_end, r13
        jhs     2f
        mov     @r12+, r14
        mov     r14, 0(r13)
        add     #2, r13
        jmp     1b

        ; .bss: zeroed.
2:      mov     #__bss_start, r13
3:      cmp     #__bss_end, r13
        jhs     4f
        mov     #0, 0(r13)
        add     #2, r13
        jmp     3b

4:      call    #main
        ; A return from main, or an interrupt without a handler: a write to the watchdog without
        ; its password resets the chip, which starts the firmware again cleanly.
        .global unused_interrupt
unused_interrupt:
        mov     #0, &0x0120
        jmp     unused_interrupt
        .size reset_handler, .-reset_handler

; The vector table, 0xFFE0..0xFFFF. Each slot names its handler weakly, so a program defines only
; the handlers it needs (with the ISR macro from f149.h) and the rest go to unused_interrupt.
        .macro vector name
        .weak isr_\name
        .set isr_\name, unused_interrupt
        .word isr_\name
        .endm

        .section .vectors,"a",@progbits
        .word   unused_interrupt        ; 0xFFE0: not used on the F149
        vector  PORT2                   ; 0xFFE2
        vector  USART1TX                ; 0xFFE4
        vector  USART1RX                ; 0xFFE6
        vector  PORT1                   ; 0xFFE8
        vector  TIMERA1                 ; 0xFFEA: TACCR1, TACCR2, TAIFG (TAIV)
        vector  TIMERA0                 ; 0xFFEC: TACCR0
        vector  ADC12                   ; 0xFFEE
        vector  USART0TX                ; 0xFFF0
        vector  USART0RX                ; 0xFFF2
        vector  WDT                     ; 0xFFF4
        vector  COMPARATORA             ; 0xFFF6
        vector  TIMERB1                 ; 0xFFF8
        vector  TIMERB0                 ; 0xFFFA
        vector  NMI                     ; 0xFFFC: NMI, oscillator fault, flash access violation
        .word   reset_handler           ; 0xFFFE: reset
