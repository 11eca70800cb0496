alpha 5 256
