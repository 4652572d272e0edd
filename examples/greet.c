/* A small firmware-style module: renaming say_hello to say_hullo with
   namepatch changes only the name bytes in the object's .strtab. */
int greet_count;

extern void board_putc(char c);

static void put_text(const char *text)
{
    while (*text)
        board_putc(*text++);
}

void say_hello(void)
{
    put_text("hello\n");
    greet_count++;
}
