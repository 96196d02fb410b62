# The demo: the example programs in examples/, written on the camera layer, as one imaging
# session against the simulated cameras (about half a minute), writing to out/. Its
# simulator settings (a quick cooler, a brisk and drifting mount) are in
# examples/demo-sim.json; real cameras ignore them.
.PHONY: demo demo-picture

DEMO_OUT ?= out

demo: build
	ASISIM_CONFIG=examples/demo-sim.json $(ENV) python3 examples/demo.py $(DEMO_OUT)

# The README's picture: the demo's long exposure.
demo-picture: demo
	cp $(DEMO_OUT)/long-exposure.png docs/demo.png
