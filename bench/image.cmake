# image benches
