
   # only comments
	
 rgb	10 1 2 3   # trailing comment
alpha 10 20#glued
