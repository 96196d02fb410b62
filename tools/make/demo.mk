# The demo: the example programs in examples/, written on the camera layer, as one imaging
# session against the simulated cameras (about half a minute), writing to out/. Its
# simulator settings (a quick cooler, a brisk and drifting mount) are in
# examples/demo-sim.json; real cameras ignore them.
.PHONY: demo demo-picture

DEMO_OUT ?= out
# Where examples/demo-sim.json points the telescope (RA, Dec, rotation), which the demo
# passes on as a user who knows it would; 800 mm is the first camera's focal length.
DEMO_POINTING ?= 83.82 -5.39 0

demo: build
	ASISIM_CONFIG=examples/demo-sim.json $(ENV) python3 examples/demo.py $(DEMO_OUT) \
	    --pointing $(DEMO_POINTING) --focal-length 800

# The README's picture: the demo's long exposure.
demo-picture: demo
	cp $(DEMO_OUT)/long-exposure.png docs/demo.png
