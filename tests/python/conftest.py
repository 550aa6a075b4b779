"""Settings for the whole test run."""

import signal

# The Ctrl-C tests send SIGINT to this process and to programs it starts. A
# run started in the background by a script begins with SIGINT ignored,
# which Python keeps (no KeyboardInterrupt) and passes on to every program
# it starts: put Python's own handler back.
signal.signal(signal.SIGINT, signal.default_int_handler)
