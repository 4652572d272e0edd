/* A small driver-like unit: functions and data of every binding the real-
   toolchain tests rename, a local that must keep its name, and an alias whose
   name GNU as may store inside another one. */
int motor_speed = 3;
static int motor_ticks;
const char motor_label[] = "motor";
int motor_limits[4] = {1, 2, 3, 4};

extern int board_read(int port);

static int clamp(int value) { return value > 100 ? 100 : value; }

int motor_step(int delta) {
  motor_ticks += delta;
  return clamp(motor_speed + board_read(motor_ticks));
}

int motor_reset(void) {
  motor_ticks = 0;
  return motor_limits[0];
}

int __motor_stop(void) { return motor_ticks = -1; }
int motor_stop(void) __attribute__((weak, alias("__motor_stop")));
