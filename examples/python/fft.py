"""Frequency domain: a low-pass filter through the forward and inverse FFT."""
import numpy as np

import lumerix as lx

h, w = 256, 256
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
signal = np.sin(2 * np.pi * x / 64) + 0.5 * np.sin(2 * np.pi * (x + y) / 4)

re, im = lx.fft(lx.Image(signal))
fy = np.minimum(y, h - y)          # frequencies without a quadrant shift: 0 at (0, 0)
fx = np.minimum(x, w - x)
keep = lx.Image((fx ** 2 + fy ** 2 < 20 ** 2).astype(np.float32))
smooth = lx.ifft(re * keep, im * keep) / float(h * w)   # the inverse is not normalised

want = np.sin(2 * np.pi * x / 64)
error = np.abs(smooth.numpy() - want).max()
print("largest difference from the slow wave alone: %.2e" % error)
power = (re * re + im * im).numpy()
v, u = np.unravel_index(np.argmax(power), power.shape)
print("strongest frequency: %d cycles along x, %d along y" % (u, v))
assert error < 1e-3
