# manylinux wheels for x86_64 and aarch64 in wheelhouse/, checked and tested as installed
# (tools/wheels/build says how).
.PHONY: wheels

wheels:
	$(ENV) tools/wheels/build
