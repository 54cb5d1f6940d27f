// A scratch working directory shaped like the server's, made once per
// fuzzing process, and the wrapped connect that keeps handlers off the
// network.
#pragma once

// Creates the directory (config, BIN/, DISK/ with the letter levels) and
// makes it the working directory. Idempotent.
void enter_fuzz_workdir();
