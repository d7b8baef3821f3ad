# What every end-to-end test, the guest tests, the release test, scripts/bench and the demo
# share: waiting with bounds (run), the product's own constants (facts), an X server (x11), the
# simulated target (target), the Linux window (gtk), the Windows program under Wine (wine) and
# the emulated machine (guest).
