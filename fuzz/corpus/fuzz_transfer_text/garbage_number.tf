alpha 5 12abc
