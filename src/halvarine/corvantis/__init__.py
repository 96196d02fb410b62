"""The Python package of the camera module: `halvarine.corvantis.asi` (the module `asi`
under its qualified name) and the pure-Python layers beside it.

`import asi` imports this package to bind itself here, so this file imports nothing:
whatever it imported would be loaded with every `import asi`, and could meet `asi`
half-initialised.
"""
