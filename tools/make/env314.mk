# tools/env314 as users' own scripts meet it, checked from the host (not through $(ENV)).
.PHONY: env314-check

env314-check:
	tools/env314-check
