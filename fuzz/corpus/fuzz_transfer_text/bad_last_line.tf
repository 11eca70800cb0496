rgb 10 1 2 3
alpha 20 5
bogus
