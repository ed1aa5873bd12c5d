"""A first card: write it, read it back, print it."""
import quillon

with quillon.Encoder("COM1") as encoder:
    encoder.write(track1="DOE^JANE", track2="1234567890", verify=True)
    print(encoder.read())
