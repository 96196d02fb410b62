.PHONY: demo

demo: build
	$(ENV) python3 examples/demo.py
