"""`python -m varnel.zel` prints the self-test report of the core module."""
from varnel.zel import zel

zel.test_kalden()
