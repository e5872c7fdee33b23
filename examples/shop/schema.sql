-- schema.sql: the tables of the shop example (SQLite).
create table product(
  id integer primary key,
  name varchar(60) not null,
  price real not null,
  description text
);
create table review(
  id integer primary key,
  product_id integer not null references product(id),
  author varchar(60) not null,
  rating integer,
  body text
);
