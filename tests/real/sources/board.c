/* The other side of motor.c: defines what it imports and calls into it, so
   that renamed references appear as undefined symbols too. */
extern int motor_step(int delta);
extern int motor_speed;

int board_read(int port) { return port * 2; }

int board_run(int steps) {
  int total = 0;
  for (int i = 0; i < steps; ++i) total += motor_step(i);
  return total + motor_speed;
}
