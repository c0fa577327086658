"""The FFT: unnormalised, zero frequency at (0, 0), real and imaginary parts as two images."""
import numpy as np

import lumerix as lx

rng = np.random.default_rng(4)
a = rng.uniform(-1, 1, (24, 40)).astype(np.float32)
re, im = lx.fft(lx.Image(a))
want = np.fft.fft2(a.astype(np.float64))
scale = np.abs(want).max()
assert np.abs(re.numpy() - want.real).max() <= 1e-5 * scale
assert np.abs(im.numpy() - want.imag).max() <= 1e-5 * scale

back = lx.ifft(re, im) / float(a.size)   # the inverse has no 1 / N factor
assert np.abs(back.numpy() - a).max() <= 1e-5
print("energy:", float((re * re + im * im).sum()) / a.size)
