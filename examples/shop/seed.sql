-- seed.sql: a few products and reviews for the shop example.
begin;
insert into product values(1, 'Apple', 0.45, 'A crisp green apple from the valley.');
insert into product values(2, 'Apricot', 0.60, 'Sweet and soft, best eaten within a week.');
insert into product values(3, 'Banana', 0.25, 'Ripe bananas, sold by the piece.');
insert into product values(4, 'Cherry basket', 3.90, 'Half a kilo of dark cherries.');
insert into product values(5, 'Grapes', 2.50, 'Seedless white grapes.');
insert into product values(6, 'Pear', 0.55, 'Juicy pears "Williams".');
insert into product values(7, 'Pineapple', 2.20, 'From the coast; ripens at home.');
insert into product values(8, 'Plum & quince jam', 4.10, 'Homemade <b>jam</b>, 250 g.');
insert into review values(1, 1, 'Anna', 5, 'Crisp, just as promised.');
insert into review values(2, 1, 'O''Neil', 4, 'Good, a bit sour.');
insert into review values(3, 6, 'Bob', 3, 'Fine.');
commit;
